# Fails when any of our C++ or Objective-C++ sources differs from what clang-format makes of it.
file(GLOB_RECURSE sources
  ${SOURCE_DIR}/front/*.cpp ${SOURCE_DIR}/front/*.h
  ${SOURCE_DIR}/recorder/*.cpp ${SOURCE_DIR}/recorder/*.h
  ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h ${SOURCE_DIR}/platform/*.mm
  ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h
  ${SOURCE_DIR}/bench/*.cpp)
# The SDK stand-ins mirror the vendor's headers and keep their layout.
list(FILTER sources EXCLUDE REGEX "/tests/apple/sdk/")
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${sources} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "clang-format: the files above need formatting (run scripts/format.sh)")
endif()
