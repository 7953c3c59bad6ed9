// Lock annotations: which spin lock guards which field, and which locks a routine expects held or
// not held. A compiler with Clang's thread-safety attributes checks them at every call and every
// access (-Wthread-safety); any other compiler sees nothing, so they add no code to the driver.
// The spin-lock routines of the kernel headers acquire and release the KSPIN_LOCK they are given.
#pragma once

#ifdef __has_attribute
#define KS_HAS_ATTRIBUTE(name) __has_attribute(name)
#else
#define KS_HAS_ATTRIBUTE(name) 0
#endif

// A field that is read and written only while the lock is held.
#if KS_HAS_ATTRIBUTE(guarded_by)
#define GUARDED_BY(lock) __attribute__((guarded_by(lock)))
#else
#define GUARDED_BY(lock)
#endif

// A pointer field whose target is read and written only while the lock is held.
#if KS_HAS_ATTRIBUTE(pt_guarded_by)
#define PT_GUARDED_BY(lock) __attribute__((pt_guarded_by(lock)))
#else
#define PT_GUARDED_BY(lock)
#endif

// A routine that the caller enters with the lock held, and leaves it held.
#if KS_HAS_ATTRIBUTE(requires_capability)
#define REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#else
#define REQUIRES(...)
#endif

// A routine that takes the lock itself, so its caller must not hold it (spin locks do not nest).
#if KS_HAS_ATTRIBUTE(locks_excluded)
#define EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#else
#define EXCLUDES(...)
#endif

// A routine that returns with the lock held, or that releases a lock its caller holds.
#if KS_HAS_ATTRIBUTE(acquire_capability)
#define ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#else
#define ACQUIRE(...)
#endif
#if KS_HAS_ATTRIBUTE(release_capability)
#define RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#else
#define RELEASE(...)
#endif

// A routine whose accesses the analysis cannot follow; each use says why it is safe.
#if KS_HAS_ATTRIBUTE(no_thread_safety_analysis)
#define NO_THREAD_SAFETY_ANALYSIS __attribute__((no_thread_safety_analysis))
#else
#define NO_THREAD_SAFETY_ANALYSIS
#endif

// Marks a field that is read, and for some written, without a lock by design. It expands to
// nothing: the comment beside each use says why an unlocked access is safe there.
#define LOCK_FREE_BY_DESIGN
