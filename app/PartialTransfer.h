// A cut transfer taken up again: what its hidden partial file was started with, kept in a
// small file beside it, and how the answer to a request for the rest is judged. No window here.
#pragma once

#include <cstdint>
#include <string>

namespace kapo {

// The names a transfer of a sound into a folder (with its trailing "/") works under: the
// partial file, hidden, and the note beside it.
std::string PartialPath(const std::string& Folder, const std::string& Name);
std::string PartialNotePath(const std::string& Folder, const std::string& Name);

// What tells that the file on the service is still the one the partial file came from: its
// Last-Modified time when the service sends one, else its total length; empty when neither
// is known (such a transfer cannot be taken up again).
std::string TransferValidator(const std::string& LastModified, std::int64_t Total);

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", read as -1). False for anything else.
bool ParseContentRange(const std::string& Value, std::int64_t& First, std::int64_t& Last, std::int64_t& Total);

enum TResumeVerdict {
    rvAppend,   // the rest of the same file, from where the partial file ends
    rvWhole,    // the whole file: the partial file starts again from zero with it
    rvRestart,  // something else (another range, a changed file): ask for the whole file anew
    rvRefused   // an error answer: the partial file is left as it is
};

// Judges the head of an answer to a request that asked for the bytes from Asked on (0: the
// whole file). Validator: the answer's; Stored: the one the partial file was started with.
TResumeVerdict JudgeResume(int Status, std::int64_t Asked, const std::string& ContentRange,
                           const std::string& Validator, const std::string& Stored);

// The note: one line, the validator. Reading answers empty when there is none or it is not
// a regular file.
std::string ReadPartialNote(const std::string& Path);
// False when it could not be written (the transfer then cannot be taken up again).
bool WritePartialNote(const std::string& Path, const std::string& Validator);

}  // namespace kapo
