# One target carries the flags every Kavro target is built with.
add_library(kavro_flags INTERFACE)
target_compile_options(kavro_flags INTERFACE -Wall -Wextra -Wpedantic)
target_compile_definitions(kavro_flags INTERFACE QT_NO_CAST_FROM_BYTEARRAY QT_NO_CAST_FROM_ASCII
                                                 QT_NO_CAST_TO_ASCII)
if(KAVRO_WERROR)
  target_compile_options(kavro_flags INTERFACE -Werror)
endif()

if(KAVRO_SANITIZE STREQUAL "address")
  set(_kavro_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(KAVRO_SANITIZE STREQUAL "thread")
  set(_kavro_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(KAVRO_SANITIZE STREQUAL "fuzzer")
  # Coverage for libFuzzer in every library; the fuzz targets link the driver.
  set(_kavro_san -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                 -fno-omit-frame-pointer)
elseif(NOT KAVRO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KAVRO_SANITIZE must be empty, 'address', 'thread' or 'fuzzer'")
endif()
if(_kavro_san)
  # Global, so the engine library and the test helpers are instrumented alike.
  add_compile_options(${_kavro_san})
  add_link_options(${_kavro_san})
endif()
