/* A module for the dynamic-loading tests: one exported function. */
__attribute__((visibility("default"))) int psp_test_plugin_answer(void) { return 42; }
