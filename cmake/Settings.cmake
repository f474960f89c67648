# Build settings shared by our own targets (never by third-party code).
add_library(kelvoma_settings INTERFACE)
target_compile_options(kelvoma_settings INTERFACE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor)
target_compile_definitions(kelvoma_settings INTERFACE $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>)

if(KELVOMA_SANITIZE)
  target_compile_options(kelvoma_settings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(kelvoma_settings INTERFACE -fsanitize=address,undefined)
endif()

# GCC 12 reports -Wrestrict on std::string concatenation at -O2 and above
# (a false positive fixed in GCC 13); keep the warning where it is right.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(kelvoma_settings INTERFACE -Wno-restrict)
endif()
