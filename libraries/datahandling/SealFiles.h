#pragma once
// File steps of the seal's store and witness: whole reads, atomic private writes (a new file
// beside the target, synced, renamed over it, the folder synced) and in-place overwrites.
// Each gives false with a reason text that names the file.

#include <cstdint>
#include <string>

namespace KelvraCorelib::SealFiles {

bool readAll(const std::string& path, std::string& bytes, std::string& problem);
bool writeAtomically(const std::string& path, const std::string& bytes, std::string& problem);
// Writes bytes at offset of an existing file and syncs it.
bool overwriteAt(const std::string& path, uint64_t offset, const std::string& bytes, std::string& problem);
// Reads size bytes at offset.
bool readAt(const std::string& path, uint64_t offset, size_t size, std::string& bytes, std::string& problem);
// The same from an open file (its position moves); the error number, or -1 when it ends early.
int readAt(int handle, uint64_t offset, size_t size, std::string& bytes);
// Appends and syncs.
bool appendSynced(const std::string& path, const std::string& bytes, std::string& problem);

std::string joined(const std::string& dir, const std::string& name);

}  // namespace KelvraCorelib::SealFiles
