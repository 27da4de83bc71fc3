// The GPU backends' one writer of standard error (gpu/backend_report.h):
// what it writes, and that nothing else under src/gpu writes there.

#include "gpu/backend_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "error_line.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(BackendReport, AFailureIsOneLineThatNamesTheProgram) {
  CaptureStderr();
  EXPECT_EQ(report_backend_failure("OpenCL error in %s: %s (%d)", "launch", "CL_OUT_OF_RESOURCES", -5),
            -1);
  const std::string text = GetCapturedStderr();
  expect_one_error_line(text);
  EXPECT_EQ(text, "tamrix-miner: OpenCL error in launch: CL_OUT_OF_RESOURCES (-5)\n");
}

TEST(BackendReport, AFailedBuildIsTheLineThenTheCompilersLog) {
  CaptureStderr();
  report_kernel_build_failure("pthread (Portable Computing Language)", "1 error\nat line 3");
  EXPECT_EQ(GetCapturedStderr(),
            "tamrix-miner: the OpenCL kernel did not build on pthread (Portable Computing "
            "Language):\n1 error\nat line 3\n");
}

// The code of a C++ or OpenCL source, without its // comments (the sources
// use no block comments, and no string holds "//" before an stderr).
std::string code_of(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string code;
  std::string line;
  while (std::getline(in, line)) code += line.substr(0, line.find("//")) + "\n";
  return code;
}

// Every source under src/gpu but backend_report.cpp: none may name standard
// error in its code, so that no failure escapes the one-line form.
TEST(BackendReport, IsTheOnlyWriterOfStandardErrorUnderSrcGpu) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(TAMRIX_SOURCE_DIR) / "src" / "gpu";
  std::vector<std::string> writers;
  int files = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.path().filename() == "backend_report.cpp") continue;
    ++files;
    const std::string code = code_of(entry.path());
    for (const char* word : {"stderr", "std::cerr", "perror("})
      if (code.find(word) != std::string::npos)
        writers.push_back(entry.path().string() + " (" + word + ")");
  }
  EXPECT_GT(files, 20) << "src/gpu not found under " << root;
  EXPECT_TRUE(writers.empty()) << testing::PrintToString(writers);
}

}  // namespace
