# The fuzz entry points as a library: the libFuzzer targets drive them, and the
# regression tests replay saved inputs through them with the normal compiler.
if(NOT TARGET qm_fuzz_entries)
  add_library(qm_fuzz_entries STATIC
    ${PROJECT_SOURCE_DIR}/fuzz/FuzzCarve.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/FuzzEntries.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/CarveBuilders.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/Lznt1Writer.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/RecordBuilder.cpp
  )
  target_include_directories(qm_fuzz_entries PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qm_fuzz_entries PUBLIC qmcore)
  # The inflate target compares with zlib where there is one (not in the
  # Windows build, which has none).
  find_package(ZLIB QUIET)
  if(ZLIB_FOUND AND NOT CMAKE_CROSSCOMPILING)
    target_link_libraries(qm_fuzz_entries PRIVATE ZLIB::ZLIB)
    target_compile_definitions(qm_fuzz_entries PRIVATE QM_FUZZ_ZLIB)
  endif()
endif()
