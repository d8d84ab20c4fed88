// The HTTP library is a prebuilt shared object without ThreadSanitizer instrumentation: the
// synchronisation inside it (its function-local statics, for one) is invisible, so its own
// memcpy/memcmp calls are reported as races between its worker threads. Only the calls made
// from that library are ignored; the code built here stays fully checked.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MORVANIX_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define MORVANIX_THREAD_SANITIZER 1
#endif

#ifdef MORVANIX_THREAD_SANITIZER
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif
