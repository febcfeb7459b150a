// Where the generated media clips live, and throwaway folders for outputs.
#pragma once

#include <string>

namespace mendtest {

// $MEND_FIXTURE_DIR if set in the environment, else the build's fixture dir.
std::string FixtureDir();
// FixtureDir() + "/" + name; does not check existence.
std::string FixturePath(const std::string& name);
// Like FixturePath, but records a test failure naming the fix when the clip
// is missing, and then returns "" so the caller can stop early:
//   const auto in = RequireFixture("clip.mp4"); if (in.empty()) return;
std::string RequireFixture(const std::string& name);

// A unique empty folder, removed with its contents on destruction. It lives
// under the current directory (ctest runs tests in the build tree), falling
// back to $TMPDIR or /tmp when that is not writable. Set MEND_KEEP_SCRATCH=1
// to keep the folders for a look afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag = "");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Root() const { return root_; }
  std::string Path(const std::string& name) const;  // Root() + "/" + name

 private:
  std::string root_;
};

}  // namespace mendtest
