// The vendor's tool for the signed file list of a product:
//   file-list-sign keygen KEY.pem                   makes a new key pair; prints the public key
//   file-list-sign pubkey KEY.pem                   prints the public key of a key pair
//   file-list-sign sign KEY.pem PRODUCT FOLDER      writes FOLDER/files.sig for every file there
//   file-list-sign verify PUBLIC PRODUCT FOLDER     checks FOLDER/files.sig as the installer
//                                                   built with PUBLIC (hex) does, and that it
//                                                   lists exactly the files of FOLDER
// The public key is printed as the installer's build option takes it: -DFILE_LIST_KEY=<hex>.
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "signer.h"

namespace {

int Usage() {
  std::cerr << "usage: file-list-sign keygen KEY.pem\n"
               "       file-list-sign pubkey KEY.pem\n"
               "       file-list-sign sign KEY.pem PRODUCT FOLDER\n"
               "       file-list-sign verify PUBLIC PRODUCT FOLDER\n";
  return 2;
}

int Fail(const std::string& Problem) {
  std::cerr << "file-list-sign: " << Problem << "\n";
  return 1;
}

std::string ReadKey(const std::string& FileName) {
  std::ifstream In(FileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string Command = argv[1], KeyFile = argv[2];
  if (Command == "keygen" && argc == 3) {
    if (std::filesystem::exists(KeyFile)) return Fail(KeyFile + " exists; it is not replaced");
    const std::string Pem = file_list_sign::GenerateKeyPem();
    // The private key is for the vendor's eyes only.
    const mode_t Old = umask(077);
    std::ofstream(KeyFile, std::ios::binary) << Pem;
    umask(Old);
    const auto Public = file_list_sign::PublicKeyHex(ReadKey(KeyFile));
    if (Pem.empty() || !Public) return Fail("cannot write a new key to " + KeyFile);
    std::cout << *Public << "\n";
    return 0;
  }
  if (Command == "pubkey" && argc == 3) {
    const auto Public = file_list_sign::PublicKeyHex(ReadKey(KeyFile));
    if (!Public) return Fail(KeyFile + " holds no P-256 private key");
    std::cout << *Public << "\n";
    return 0;
  }
  if (Command == "sign" && argc == 5) {
    const std::string Product = argv[3];
    const std::filesystem::path Folder = argv[4];
    const auto List = file_list_sign::ListFolder(Product, Folder);
    if (!List || List->Files.empty()) return Fail("cannot list the files of " + Folder.string());
    const auto Text = file_list_sign::SignFileList(ReadKey(KeyFile), *List);
    if (!Text) return Fail(KeyFile + " holds no P-256 private key");
    if (!ParseFileList(FormatFileList(*List)))
      return Fail("a product or file name the installer cannot take (spaces, too long?)");
    const std::filesystem::path Out = Folder / "files.sig";
    std::ofstream(Out, std::ios::binary) << *Text;
    std::cout << "wrote " << Out.string() << ": " << List->Files.size() << " files of " << Product
              << "\n";
    return 0;
  }
  if (Command == "verify" && argc == 5) {
    const std::string Product = argv[3];
    const std::filesystem::path Folder = argv[4];
    const std::string ListFile = (Folder / "files.sig").string();
    const auto Key = BytesFromHex(argv[2]);
    if (!Key) return Fail("the public key is not hex: " + std::string(argv[2]));
    const auto Text = ReadFileListFile(ListFile);
    if (!Text) return Fail("cannot read " + ListFile);
    const auto Signed = ReadSignedFileList(*Text, *Key);
    if (!Signed) return Fail(ListFile + " is no list signed with that key");
    if (Signed->Product != Product) return Fail(ListFile + " is signed for " + Signed->Product);
    const auto Present = file_list_sign::ListFolder(Product, Folder);
    if (!Present || Present->Files != Signed->Files)
      return Fail(ListFile + " does not list exactly the files of " + Folder.string());
    std::cout << "verified " << ListFile << ": " << Signed->Files.size() << " files of " << Product
              << "\n";
    return 0;
  }
  return Usage();
}
