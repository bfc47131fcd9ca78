// Lock contracts that Clang checks at compile time (-Wthread-safety): which mutex guards a
// member, which a function needs held or must not hold, and in which order two are taken.
// Other compilers read them as nothing. Use them with morvane::Mutex (sync/mutex.h); a
// std::mutex carries no capability the analysis could follow.
#ifndef MORVANE_CORE_SYNC_THREAD_ANNOTATIONS_H_
#define MORVANE_CORE_SYNC_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define MORVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MORVANE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) MORVANE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY MORVANE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) MORVANE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) MORVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) MORVANE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) MORVANE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) MORVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) MORVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) MORVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) MORVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) MORVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) MORVANE_THREAD_ANNOTATION(assert_capability(x))
// For the rare function whose locking the analysis cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS MORVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // MORVANE_CORE_SYNC_THREAD_ANNOTATIONS_H_
