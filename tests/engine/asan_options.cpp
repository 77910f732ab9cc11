// Late writes into a finished call's locals (a timer task that outlives the call that armed it)
// are reported, not silently absorbed by the stack.
extern "C" const char* __asan_default_options() {
    return "detect_stack_use_after_return=1";
}
