// Marks a hot loop for a second copy built for wider vector units, picked at load time.
#pragma once

// Not under the sanitizers: their runtime is not up yet when the loader picks the copy.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define KVOL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KVOL_VECTOR_CLONES
#endif
