// Where the compiler's own judgement of inlining is overruled: the entry of
// every method inlines its guard, and the rare ways of a hot function stay out
// of its body.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUORIX_ALWAYS_INLINE inline __attribute__((always_inline))
#define QUORIX_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QUORIX_ALWAYS_INLINE __forceinline
#define QUORIX_NOINLINE __declspec(noinline)
#else
#define QUORIX_ALWAYS_INLINE inline
#define QUORIX_NOINLINE
#endif
