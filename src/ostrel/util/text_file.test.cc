#include "ostrel/util/text_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace ostrel {
namespace {

class TextFile : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/ostrel_text_file_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }

  std::string path_;
};

TEST_F(TextFile, ReadsTheWholeFile) {
  std::string big(200000, 'x');  // larger than one read
  big += "\xC3\xA9\n";
  write(big);
  const auto text = read_utf8_file(path_);
  ASSERT_TRUE(text.ok()) << text.error().message();
  EXPECT_EQ(text.value(), big);
  write("");
  EXPECT_EQ(read_utf8_file(path_).value(), "");
}

TEST_F(TextFile, RefusesBytesThatAreNotUtf8) {
  for (const std::string bytes : {"ok\xFF", "\xC3", "\xED\xA0\x80", "\xC0\xAF"}) {
    write(bytes);
    const auto text = read_utf8_file(path_);
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().message(), "stream did not contain valid UTF-8");
  }
}

TEST_F(TextFile, ReportsOsErrorsWithTheirNumber) {
  EXPECT_EQ(read_utf8_file(path_ + ".missing").error().message(), "No such file or directory (os error 2)");
  EXPECT_EQ(read_utf8_file("/tmp").error().message(), "Is a directory (os error 21)");
  EXPECT_EQ(read_utf8_file(std::string("/tmp/a\0b", 8)).error().message(),
            "file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace ostrel
