// Forced into every driver source a fuzz target compiles: the driver's
// writable globals go to sections of their own, so that the frame can give
// each sequence a freshly loaded image (FuzzTarget.cpp) without knowing the
// globals' names.
#pragma clang section bss = "fuzz_image_bss" data = "fuzz_image_data"
