// The vendor's side of the signed file list: key pairs, the list of a folder of product files,
// and its signature. OpenSSL's libcrypto; the list's format is the installer's own (FileList.h).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "FileList.h"

namespace file_list_sign {

// A new ECDSA P-256 private key as PEM.
std::string GenerateKeyPem();
// The public key of a P-256 private key in PEM, as the installer's build option FILE_LIST_KEY
// takes it (hex of the uncompressed point); nothing for anything else.
std::optional<std::string> PublicKeyHex(const std::string& PrivateKeyPem);
// Every regular file of Folder with its size and SHA-256, except the list itself (files.sig);
// nothing when one cannot be read or is too large for the installer.
std::optional<TFileList> ListFolder(const std::string& Product,
                                    const std::filesystem::path& Folder);
// The list's whole text: signed part and signature line; nothing when the key is no P-256 key.
std::optional<std::string> SignFileList(const std::string& PrivateKeyPem, const TFileList& List);

}  // namespace file_list_sign
