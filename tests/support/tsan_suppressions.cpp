// FFmpeg is not built with TSan: its decoder threads hand frames and buffers over through
// C11 atomics that TSan cannot see, so the calls it makes (free, memcpy, ...) race with one
// another in every threaded decode. Those calls are not checked; our own code, including
// the frame pool's callback that the decoder threads run, still is.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif
