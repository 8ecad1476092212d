/* A library with one function, loaded and unloaded by the tests of
 * programs that load code at run time. */
int ktDummyAnswer(void) { return 42; }
