/* A module for the dynamic-loading tests: one exported function. */
#ifdef _WIN32
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
    int psp_test_plugin_answer(void) {
  return 42;
}
