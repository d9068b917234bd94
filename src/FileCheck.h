// The check of each downloaded file before the flow goes on. setup.exe, and with a vendor key every
// file, is held open from its arrival to the end of the run, with sharing that refuses writing and
// deleting: nothing can be put under its name meanwhile, so the launch starts the file that
// arrived. A build
// that carries the vendor's key also fetches the signed file list first and takes a file only
// when its size and SHA-256 are as the list has them; the file is hashed through the handle that
// holds it, on a thread of its own, while the flow waits.
#pragma once

#include <cstdint>
#include <string>

enum class TFileCheckResult { Checking, Accepted, Refused };

// Where the downloads start: with a key, entry 0 of the plan is the signed list, whose name
// goes into Source and Target; without one, entry 1.
std::int32_t PlanSignedFileList(std::string& Source, std::string& Target);
// Holds the file that has just arrived and starts its check: the list is read and verified for
// Product at once, any other file hashed.
void CheckArrivedFile(const std::string& FileName, const std::string& Source,
                      const std::string& Product);
// How the check of the file that arrived last stands; Accepted also when none has arrived. A
// refused file is deleted, so that nobody starts it by hand.
TFileCheckResult ArrivedFileResult();
