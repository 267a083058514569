// Pure parts of the sandbox: the lexical path rules of the preload library, and the rule that
// decides which imported names the library must wrap.
#include <gtest/gtest.h>

#include <string>

#include "preload/preload.h"
#include "symbol_rules.h"

namespace {

struct NormalCase {
  const char* in;
  const char* out;  // nullptr: refused
};

class Normalise : public ::testing::TestWithParam<NormalCase> {};

TEST_P(Normalise, SpellsThePathOnce) {
  char out[64];
  const NormalCase& c = GetParam();
  const bool ok = bm77sim::NormalisePath(c.in, out, sizeof out);
  if (c.out == nullptr) {
    EXPECT_FALSE(ok) << c.in;
  } else {
    ASSERT_TRUE(ok) << c.in;
    EXPECT_STREQ(out, c.out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Normalise,
    ::testing::Values(
        NormalCase{"/", "/"}, NormalCase{"//tmp/./x", "/tmp/x"},
        NormalCase{"/opt/no-such/../mac", "/opt/mac"}, NormalCase{"/..", "/"},
        NormalCase{"/tmp/", "/tmp"}, NormalCase{"/a//b///c/.", "/a/b/c"},
        NormalCase{"/a/b/../../../tmp", "/tmp"}, NormalCase{"/dev/./ttyS0", "/dev/ttyS0"},
        NormalCase{"/tmp/..x", "/tmp/..x"}, NormalCase{"tmp/x", nullptr}, NormalCase{"", nullptr},
        // longer than the 64-byte buffer
        NormalCase{"/0123456789012345678901234567890123456789012345678901234567890123", nullptr}));

TEST(PathUnder, WholeComponentsOnly) {
  EXPECT_TRUE(bm77sim::PathUnder("/opt", "/opt"));
  EXPECT_TRUE(bm77sim::PathUnder("/opt/mac", "/opt"));
  EXPECT_FALSE(bm77sim::PathUnder("/optional", "/opt"));
  EXPECT_FALSE(bm77sim::PathUnder("/", "/opt"));
  EXPECT_TRUE(bm77sim::PathUnder("/anything", "/"));
}

TEST(JoinPath, OneSlashAndBoundedLength) {
  char out[16];
  ASSERT_TRUE(bm77sim::JoinPath("/dev", "ttyS0", out, sizeof out));
  EXPECT_STREQ(out, "/dev/ttyS0");
  EXPECT_FALSE(bm77sim::JoinPath("/dev", "0123456789ab", out, sizeof out));
}

struct SymbolCase {
  const char* name;
  bool needs_wrapper;
};

class ImportedSymbol : public ::testing::TestWithParam<SymbolCase> {};

TEST_P(ImportedSymbol, IsJudgedByWhatItReaches) {
  EXPECT_EQ(symbols::NeedsWrapper(GetParam().name), GetParam().needs_wrapper) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ImportedSymbol,
    ::testing::Values(
        SymbolCase{"open", true}, SymbolCase{"__open64_2", true}, SymbolCase{"fopen64", true},
        SymbolCase{"creat", true}, SymbolCase{"stat", true}, SymbolCase{"statx", true},
        SymbolCase{"opendir", true}, SymbolCase{"scandir", true}, SymbolCase{"posix_spawn", true},
        SymbolCase{"execvp", true}, SymbolCase{"system", true}, SymbolCase{"ioctl", true},
        SymbolCase{"readlink", true}, SymbolCase{"realpath", true}, SymbolCase{"mkstemp", true},
        SymbolCase{"fstat", false}, SymbolCase{"__fxstat64", false}, SymbolCase{"readdir64", false},
        SymbolCase{"fdopen", false}, SymbolCase{"posix_spawn_file_actions_init", false},
        SymbolCase{"tcsetattr", false}, SymbolCase{"read", false}, SymbolCase{"printf", false},
        SymbolCase{"setstate", false},
        SymbolCase{"_ZNSt7__cxx1112basic_stringIcE9_M_createERmm", false}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
