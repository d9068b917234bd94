// DLLs of the Windows build that the system does not always load from its own folder, loaded at
// run time from there, so that a DLL of the same name beside the executable (a Downloads folder
// that any web page can write to) never runs in our process.
//
// The executable imports statically only DLLs that the system maps from its own folder whatever
// lies beside it (its known DLLs, and the common controls through the manifest);
// scripts/windows-checks.sh `imports` fails on any other. Every other DLL is listed below. A call
// of one of its functions goes through the pointer __imp_<Function>, as a call of any imported
// function does; here that pointer first leads to a stand-in that loads the DLL from the system
// folder, looks the function up, puts the function's address in the pointer and calls it. Later
// calls go straight to the function. Where the DLL or the function is missing, the call fails as
// the function reports failure (a zero result) with ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND.
//
// To add a function: one SYSTEM_FUNCTION line with its DLL, and its header included above the
// table. To add a DLL: one constant with its file name next to WinInet, and the DLL taken out of
// the link libraries of src/platform/CMakeLists.txt (linking its import library as well would
// bring the static import back). For example, for the CNG hash functions:
//   #include <bcrypt.h>
//   constexpr char BCrypt[] = "bcrypt.dll";
//   SYSTEM_FUNCTION(BCrypt, BCryptOpenAlgorithmProvider)
#include <wininet.h>

#include <type_traits>

namespace {

// Before anything else of the program runs: DLLs loaded later by name, by us or by the system on
// our behalf, come from the system folder only. Looked up at run time, since Windows 7 has it
// only with an update.
__attribute__((constructor(101))) void SearchSystemFolderOnly() {
  using TSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
  const HMODULE Kernel = GetModuleHandleA("kernel32.dll");
  const auto Set = Kernel ? reinterpret_cast<TSetDefaultDllDirectories>(reinterpret_cast<void*>(
                                GetProcAddress(Kernel, "SetDefaultDllDirectories")))
                          : nullptr;
  if (Set) Set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

struct TSystemFunction {
  const char* Dll;
  const char* Name;
};

// The function's address, its DLL loaded from the system folder; null with the error set when
// either is missing. Loading the same DLL again only counts up its use.
void* Resolve(const TSystemFunction& Function) {
  const HMODULE Module = LoadLibraryExA(Function.Dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!Module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* Address = reinterpret_cast<void*>(GetProcAddress(Module, Function.Name));
  if (!Address) SetLastError(ERROR_PROC_NOT_FOUND);
  return Address;
}

template <typename Signature>
struct TFirstCall;

template <typename Result, typename... Arguments>
struct TFirstCall<Result(Arguments...)> {
  using TPointer = Result (*)(Arguments...);

  // Where the import pointer Slot of Function first leads. Two threads may both get here; both
  // store the same address.
  template <TPointer& Slot, const TSystemFunction& Function>
  static Result Call(Arguments... Args) {
    const auto Address = reinterpret_cast<TPointer>(Resolve(Function));
    if (!Address) return Result();
    __atomic_store_n(&Slot, Address, __ATOMIC_RELEASE);
    return Address(Args...);
  }
};

template <typename Pointer>
using TSignature = std::remove_pointer_t<Pointer>;

}  // namespace

// The import pointer of Function in DLL Dll, and the function's own name as a jump through it,
// for headers that do not declare the function as imported.
#define SYSTEM_FUNCTION(Dll, Function)                                                       \
  namespace {                                                                                \
  constexpr TSystemFunction Function##Entry{Dll, #Function};                                 \
  }                                                                                          \
  extern "C" decltype(&::Function) Function##Slot asm("__imp_" #Function);                   \
  decltype(&::Function) Function##Slot =                                                     \
      &TFirstCall<TSignature<decltype(&::Function)>>::Call<Function##Slot, Function##Entry>; \
  asm(".section .text$sysdll_" #Function ",\"x\"\n.globl " #Function "\n" #Function          \
      ":\n\tjmp *__imp_" #Function "(%rip)\n.text");

namespace {
constexpr char WinInet[] = "wininet.dll";
}  // namespace

SYSTEM_FUNCTION(WinInet, InternetOpenA)
SYSTEM_FUNCTION(WinInet, InternetConnectA)
SYSTEM_FUNCTION(WinInet, InternetSetOptionA)
SYSTEM_FUNCTION(WinInet, InternetReadFile)
SYSTEM_FUNCTION(WinInet, InternetCloseHandle)
SYSTEM_FUNCTION(WinInet, HttpAddRequestHeadersA)
SYSTEM_FUNCTION(WinInet, HttpOpenRequestA)
SYSTEM_FUNCTION(WinInet, HttpSendRequestA)
SYSTEM_FUNCTION(WinInet, HttpQueryInfoA)
