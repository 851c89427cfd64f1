# The vector SHA-256 block functions and the wide Kuznyechik need wider
# instruction sets than the rest of the library; only their own files get them,
# and the dispatch calls them only where the processor (and, for AVX2 and
# AVX-512, the OS) supports them.
set_source_files_properties(
  ${CMAKE_CURRENT_SOURCE_DIR}/zvcrypto/sha256_sse4.cpp
  PROPERTIES COMPILE_OPTIONS "-mssse3;-msse4.1")
set_source_files_properties(
  ${CMAKE_CURRENT_SOURCE_DIR}/zvcrypto/sha256_rorx.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi2")
set_source_files_properties(
  ${CMAKE_CURRENT_SOURCE_DIR}/zvcrypto/kuznyechik_avx512.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512vbmi;-mgfni")
