// FFmpeg is not built with TSan: its decoder threads hand frames and buffers over through
// C11 atomics that TSan cannot see, so every threaded decode reports races inside it. Only
// those are suppressed; races in our own code still halt the run.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\nrace:libavutil.so\n";
}
#endif
