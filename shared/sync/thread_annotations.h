// Lock rules the compiler checks: clang's thread-safety analysis reads these
// (build with -Wthread-safety); other compilers see nothing.
#ifndef PELMORA_SYNC_THREAD_ANNOTATIONS_H_
#define PELMORA_SYNC_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define PELMORA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PELMORA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) PELMORA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY PELMORA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) PELMORA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) PELMORA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) \
  PELMORA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) \
  PELMORA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) PELMORA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PELMORA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) \
  PELMORA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) PELMORA_THREAD_ANNOTATION(assert_capability(x))
#define EXCLUDES(...) PELMORA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS \
  PELMORA_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // PELMORA_SYNC_THREAD_ANNOTATIONS_H_
