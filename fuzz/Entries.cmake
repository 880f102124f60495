# The fuzz entry points as a library: the libFuzzer targets drive them, and the
# regression tests replay saved inputs through them with the normal compiler.
if(NOT TARGET qm_fuzz_entries)
  add_library(qm_fuzz_entries STATIC
    ${PROJECT_SOURCE_DIR}/fuzz/FuzzEntries.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/Lznt1Writer.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/RecordBuilder.cpp
  )
  target_include_directories(qm_fuzz_entries PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qm_fuzz_entries PUBLIC qmcore)
endif()
