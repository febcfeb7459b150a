#include "support/Fixtures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace mendtest {

std::string FixtureDir() {
  if (const char* env = std::getenv("MEND_FIXTURE_DIR"); env && *env) return env;
  return MEND_FIXTURE_DIR;
}

std::string FixturePath(const std::string& name) { return FixtureDir() + "/" + name; }

std::string RequireFixture(const std::string& name) {
  const std::string path = FixturePath(name);
  std::error_code ec;
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0 && !ec) return path;
  ADD_FAILURE() << "missing media fixture " << path
                << "\n  build it with: ctest -R make_media_fixtures"
                << "  (or: bash tests/fixtures/make_fixtures.sh " << FixtureDir() << ")";
  return "";
}

namespace {

bool Writable(const fs::path& dir) {
  std::error_code ec;
  return fs::is_directory(dir, ec) && access(dir.c_str(), W_OK | X_OK) == 0;
}

// Test name as a folder-name fragment, to tell leftovers apart.
std::string TestTag() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string tag = info ? std::string(info->test_suite_name()) + "." + info->name() : "scratch";
  for (char& c : tag)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  return tag.substr(0, 80);
}

}  // namespace

ScratchDir::ScratchDir(const std::string& tag) {
  std::error_code ec;
  fs::path base = fs::current_path(ec);
  if (ec || !Writable(base)) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? fs::path(tmp) : fs::path("/tmp");
  }
  base /= "mend_scratch";
  fs::create_directories(base, ec);

  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const std::string stem = (tag.empty() ? TestTag() : tag) + "-" + std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = base / (stem + std::to_string(counter++) + "-" + std::to_string(rd() % 100000));
    // create_directory reports false when the folder already existed.
    if (fs::create_directory(dir, ec) && !ec) {
      root_ = dir.string();
      return;
    }
  }
  ADD_FAILURE() << "cannot create a scratch folder under " << base;
}

ScratchDir::~ScratchDir() {
  if (root_.empty()) return;
  if (const char* keep = std::getenv("MEND_KEEP_SCRATCH"); keep && *keep && *keep != '0') return;
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string ScratchDir::Path(const std::string& name) const {
  return root_.empty() ? std::string() : root_ + "/" + name;
}

}  // namespace mendtest
