#include "support/Damage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace mendtest {
namespace {

// Range inside a file of `size` bytes, without overflow on hostile numbers.
bool RangeFits(int64_t size, int64_t offset, int64_t length) {
  return size >= 0 && offset >= 0 && length >= 0 && offset <= size && length <= size - offset;
}

void CheckFour(const std::vector<uint8_t>& bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4)
    throw std::out_of_range("32-bit access at " + std::to_string(offset) + " past " +
                            std::to_string(bytes.size()) + " bytes");
}

}  // namespace

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return -1;
  const auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  const int64_t size = FileSize(path);
  if (size <= 0) return {};
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return {};
  return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

bool CopyFile(const std::string& src, const std::string& dst) {
  std::error_code ec;
  fs::copy_file(src, dst, fs::copy_options::overwrite_existing, ec);
  return !ec;
}

bool TruncateFile(const std::string& path, int64_t newSize) {
  const int64_t size = FileSize(path);
  if (size < 0 || newSize < 0 || newSize > size) return false;
  std::error_code ec;
  fs::resize_file(path, static_cast<uintmax_t>(newSize), ec);
  return !ec;
}

bool OverwriteBytes(const std::string& path, int64_t offset, const std::vector<uint8_t>& bytes) {
  if (!RangeFits(FileSize(path), offset, static_cast<int64_t>(bytes.size()))) return false;
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f) return false;
  f.seekp(offset);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  f.close();
  return static_cast<bool>(f);
}

bool ZeroRange(const std::string& path, int64_t offset, int64_t length) {
  if (!RangeFits(FileSize(path), offset, length)) return false;
  return OverwriteBytes(path, offset, std::vector<uint8_t>(static_cast<size_t>(length), 0));
}

std::vector<uint8_t> PseudoRandomBytes(size_t length, uint32_t seed) {
  // splitmix64: fixed output for a seed, unlike std:: distributions.
  uint64_t state = seed;
  std::vector<uint8_t> out(length);
  for (size_t i = 0; i < length; i += 8) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (size_t k = 0; k < 8 && i + k < length; ++k) out[i + k] = static_cast<uint8_t>(z >> (8 * k));
  }
  return out;
}

bool SpliceGarbage(const std::string& path, int64_t offset, int64_t length, uint32_t seed) {
  const int64_t size = FileSize(path);
  if (!RangeFits(size, offset, 0) || length < 0) return false;
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  if (static_cast<int64_t>(bytes.size()) != size) return false;
  const std::vector<uint8_t> garbage = PseudoRandomBytes(static_cast<size_t>(length), seed);
  bytes.insert(bytes.begin() + offset, garbage.begin(), garbage.end());
  return WriteFileBytes(path, bytes);
}

int64_t FindBytes(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& pattern,
                  size_t from) {
  if (pattern.empty() || from > bytes.size()) return -1;
  const auto it = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                              pattern.begin(), pattern.end());
  return it == bytes.end() ? -1 : static_cast<int64_t>(it - bytes.begin());
}

int64_t FindBytes(const std::vector<uint8_t>& bytes, const std::string& pattern, size_t from) {
  return FindBytes(bytes, std::vector<uint8_t>(pattern.begin(), pattern.end()), from);
}

uint32_t ReadBE32(const std::vector<uint8_t>& b, size_t o) {
  CheckFour(b, o);
  return uint32_t(b[o]) << 24 | uint32_t(b[o + 1]) << 16 | uint32_t(b[o + 2]) << 8 | b[o + 3];
}

uint32_t ReadLE32(const std::vector<uint8_t>& b, size_t o) {
  CheckFour(b, o);
  return uint32_t(b[o + 3]) << 24 | uint32_t(b[o + 2]) << 16 | uint32_t(b[o + 1]) << 8 | b[o];
}

void WriteBE32(std::vector<uint8_t>& b, size_t o, uint32_t v) {
  CheckFour(b, o);
  for (int k = 0; k < 4; ++k) b[o + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

void WriteLE32(std::vector<uint8_t>& b, size_t o, uint32_t v) {
  CheckFour(b, o);
  for (int k = 0; k < 4; ++k) b[o + k] = static_cast<uint8_t>(v >> (8 * k));
}

}  // namespace mendtest
