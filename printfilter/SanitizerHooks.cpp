// Linked into the filter's programs in sanitizer builds only. libcups 2.4 leaks a few strings of
// the PPD cache that cupsMarkOptions builds; they are not the filter's to free, so the leak check
// leaves them out. libcups has no frame pointers: allocations are unwound the slow, full way so the
// suppression can see libcups's own frames (and every other leak keeps its whole stack).

extern "C" const char* __lsan_default_suppressions() {
    return "leak:_ppdCacheCreateWithPPD\n";
}
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
