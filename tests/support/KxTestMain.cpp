// Entry point of every test executable: a child role when launched as one, else the test suite.
#include "KxTestHarness.h"

int main(int argc, char** argv) { return KxTestMain(argc, argv); }
