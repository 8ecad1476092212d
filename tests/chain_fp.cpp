// The call chains once more, built with frame pointers (see CMakeLists.txt):
// captures must resolve the same with and without them.
#include "chain.cpp"
