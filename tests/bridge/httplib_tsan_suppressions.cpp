// The HTTP library comes prebuilt without ThreadSanitizer instrumentation, so the
// synchronisation inside it (the guards of its function-local statics among it) is invisible
// and its own memory calls on connection threads are reported as races. Calls made from that
// library are ignored; everything compiled here is still checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif
