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

TEST(LoadAfterTerm, LookupReadsNothingFromTheHandle) {
#ifdef _WIN32
  const char *library = "kernel32", *function = "GetTickCount";
#else
  const char *library = "libm.so.6", *function = "cos";
#endif
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
