// Edge cases of the process wrappers and the loader: calls out of order and
// after the library has gone.
#include "psp.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(Tokenize, ContinuingWithoutAPositionGivesNull) {
  struct Case {
    char *text;
    const char *delimiters;
  } cases[] = {{nullptr, ","}, {nullptr, ""}};
  for (const Case &c : cases) {
    char *context = nullptr;
    errno = 0;
    EXPECT_EQ(psp_strtok(c.text, c.delimiters, &context), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(context, nullptr);
  }
  // After the last token the position stays usable: NULL again, no fault.
  char text[] = "a";
  char *context = nullptr;
  EXPECT_STREQ(psp_strtok(text, ",", &context), "a");
  EXPECT_EQ(psp_strtok(nullptr, ",", &context), nullptr);
  EXPECT_EQ(psp_strtok(nullptr, ",", &context), nullptr);
}

#ifdef _WIN32
constexpr char kLibrary[] = "kernel32", kOwn[] = "GetTickCount";
#else
constexpr char kLibrary[] = "libm.so.6", kOwn[] = "cos";
#endif

TEST(LoadLookups, OnlyTheLibrarysOwnNamesAreFound) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_LIB lib = nullptr;
  ASSERT_EQ(psp_load(kLibrary, &lib), PSP_OKAY);
  struct Case {
    const char *function;
    bool found;
  } cases[] = {{kOwn, true},
               {"printf", false}, // the C library's, which this one only uses
               {"psp_init", false}};
  for (const Case &c : cases) {
    void *address = &lib;
    EXPECT_EQ(psp_getFcnAddr(lib, c.function, &address), PSP_OKAY);
    EXPECT_EQ(address != nullptr, c.found) << c.function;
  }
  EXPECT_EQ(psp_unload(lib), PSP_OKAY);
  psp_term();
}

TEST(LoadAfterTerm, LookupReadsNothingFromTheHandle) {
  const char *library = kLibrary, *function = kOwn;
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_LIB lib = nullptr;
  ASSERT_EQ(psp_load(library, &lib), PSP_OKAY);
  void *address = nullptr;
  EXPECT_EQ(psp_getFcnAddr(lib, function, &address), PSP_OKAY);
  EXPECT_NE(address, nullptr);
  psp_term(); // the handle's memory goes with the default tag
  EXPECT_EQ(psp_getFcnAddr(lib, function, &address), PSP_ERR_SYSTEM);
  EXPECT_EQ(address, nullptr);
  EXPECT_EQ(psp_unload(lib), PSP_ERR_SYSTEM);
}
