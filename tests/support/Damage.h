// Byte-exact file damage and small byte helpers for building broken inputs.
// Every damager returns false (and leaves the file untouched) when the range
// does not fit inside the existing file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mendtest {

// Shrinks the file to newSize bytes (newSize <= current size).
bool TruncateFile(const std::string& path, int64_t newSize);
// Sets [offset, offset+length) to zero.
bool ZeroRange(const std::string& path, int64_t offset, int64_t length);
// Replaces bytes at offset with `bytes`; the file does not grow.
bool OverwriteBytes(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes);
// Inserts `length` pseudo-random bytes at offset (0 <= offset <= size); the
// rest of the file moves back. The same seed gives the same bytes.
bool SpliceGarbage(const std::string& path, int64_t offset, int64_t length, uint32_t seed);

// Deterministic on every platform (not std:: distributions).
std::vector<uint8_t> PseudoRandomBytes(size_t length, uint32_t seed);

// Empty on failure; use FileSize to tell a failure from an empty file.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool CopyFile(const std::string& src, const std::string& dst);  // overwrites dst
int64_t FileSize(const std::string& path);                       // -1 if missing

// Offset of the first match at or after `from`, or -1.
int64_t FindBytes(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& pattern,
                  size_t from = 0);
// Pattern given as text, e.g. FindBytes(data, "moov") for a box type.
int64_t FindBytes(const std::vector<uint8_t>& bytes, const std::string& pattern, size_t from = 0);

// Throw std::out_of_range when the four bytes are not inside the vector.
uint32_t ReadBE32(const std::vector<uint8_t>& bytes, size_t offset);
uint32_t ReadLE32(const std::vector<uint8_t>& bytes, size_t offset);
void WriteBE32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void WriteLE32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

}  // namespace mendtest
