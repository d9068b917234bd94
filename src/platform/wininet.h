// POSIX stand-in for the Windows Internet client functions the program calls, over libcurl.
// Same names, handle type and argument lists; only what the program uses.
#pragma once

#include "windows.h"

using HINTERNET = void*;
using INTERNET_PORT = WORD;
using DWORD_PTR = std::uintptr_t;
using LPDWORD = DWORD*;
using LPCVOID = const void*;

constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;
constexpr DWORD HTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr DWORD HTTP_ADDREQ_FLAG_REPLACE = 0x80000000;
constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
constexpr DWORD INTERNET_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_TRANSFER_ENCODING = 63;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;

// INTERNET_OPEN_TYPE_PRECONFIG uses the system's proxy configuration: the http_proxy and
// no_proxy environment.
HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                        LPCSTR lpszProxyBypass, DWORD dwFlags);
HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                           LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                           DWORD_PTR dwContext);
// There is no cache here: INTERNET_FLAG_RELOAD changes nothing on the wire, while
// INTERNET_FLAG_PRAGMA_NOCACHE sends "Pragma: no-cache" for the caches on the way.
HINTERNET HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName,
                           LPCSTR lpszVersion, LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes,
                           DWORD dwFlags, DWORD_PTR dwContext);
// Header lines ("Name: value", ended by CR LF; dwHeadersLength -1 when the text is
// zero-terminated) that the request sends besides its own. With HTTP_ADDREQ_FLAG_REPLACE a line
// replaces one of the same name added before; other modifiers count as HTTP_ADDREQ_FLAG_ADD.
BOOL HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                            DWORD dwModifiers);
// Sends the request and returns once the response head has arrived, or fails.
BOOL HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                      LPVOID lpOptional, DWORD dwOptionalLength);
// Returns the header's text as sent, zero-terminated; fails when the response has none.
BOOL HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                    LPDWORD lpdwBufferLength, LPDWORD lpdwIndex);
// Hands out at most dwNumberOfBytesToRead bytes of the body; success with 0 bytes at its end,
// failure on a broken or stalled transfer.
BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                      LPDWORD lpdwNumberOfBytesRead);
// Only the time limits (milliseconds, a DWORD each), on any handle: the handles made through it
// afterwards take them over; a request uses them when it is sent. Without them, 60 s each.
BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
// Closing a null handle is harmless.
BOOL InternetCloseHandle(HINTERNET hInternet);
