# Compiler and linker flags for every target: warnings, the sanitizers, and
# what keeps a release build reproducible. Each flag goes only to compilers
# that know it: MSVC spells its own, MinGW has no sanitizers, and the resource
# compiler (Windows) takes none of them.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

set(stbload_cxx "$<COMPILE_LANGUAGE:CXX>")

# Warnings.
if(MSVC)
  add_compile_options("$<${stbload_cxx}:/W4;/permissive->")
  if(STBLOAD_WERROR)
    add_compile_options("$<${stbload_cxx}:/WX>")
  endif()
else()
  add_compile_options("$<${stbload_cxx}:-Wall;-Wextra;-Wpedantic>")
  if(STBLOAD_WERROR)
    add_compile_options("$<${stbload_cxx}:-Werror>")
  endif()
endif()

# AddressSanitizer and UndefinedBehaviorSanitizer, both or neither: a build
# that silently left one out would pass tests it should fail.
if(STBLOAD_SANITIZE)
  set(stbload_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all)
  if(NOT MSVC)
    set(CMAKE_REQUIRED_FLAGS "${stbload_sanitizers}")
    list(JOIN CMAKE_REQUIRED_FLAGS " " CMAKE_REQUIRED_FLAGS)
    set(CMAKE_REQUIRED_LINK_OPTIONS ${stbload_sanitizers})
    check_cxx_source_compiles("int main() { return 0; }" STBLOAD_HAVE_SANITIZERS)
    unset(CMAKE_REQUIRED_FLAGS)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
  endif()
  if(NOT STBLOAD_HAVE_SANITIZERS)
    message(FATAL_ERROR "STBLOAD_SANITIZE needs a compiler with AddressSanitizer and "
      "UndefinedBehaviorSanitizer (GCC or Clang on Linux or macOS); ${CMAKE_CXX_COMPILER_ID} "
      "for ${CMAKE_SYSTEM_NAME} has not both")
  endif()
  add_compile_options("$<${stbload_cxx}:${stbload_sanitizers};-fno-omit-frame-pointer>")
  add_link_options(${stbload_sanitizers})
endif()

# ThreadSanitizer, for the station's threads; it cannot be combined with ASan.
if(STBLOAD_SANITIZE_THREAD)
  if(STBLOAD_SANITIZE)
    message(FATAL_ERROR "STBLOAD_SANITIZE_THREAD and STBLOAD_SANITIZE cannot be used together")
  endif()
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=thread")
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=thread)
  check_cxx_source_compiles("int main() { return 0; }" STBLOAD_HAVE_TSAN)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT STBLOAD_HAVE_TSAN)
    message(FATAL_ERROR "STBLOAD_SANITIZE_THREAD needs a compiler with ThreadSanitizer")
  endif()
  add_compile_options("$<${stbload_cxx}:-fsanitize=thread;-fno-sanitize-recover=all;-fno-omit-frame-pointer>")
  add_link_options(-fsanitize=thread)
endif()

# Reproducible release builds: the same sources give the same bytes wherever
# they are checked out and built. __FILE__ and any debug information name
# files relative to the source and build trees, not by their absolute paths.
# Debug builds keep the real paths, so that debuggers find the sources.
if(NOT MSVC)
  check_cxx_compiler_flag(-ffile-prefix-map=/a=b STBLOAD_HAVE_FILE_PREFIX_MAP)
endif()
if(STBLOAD_HAVE_FILE_PREFIX_MAP)
  # The build tree is often inside the source tree; GCC and Clang both try
  # the more specific (later, longer) mapping first.
  add_compile_options("$<$<AND:${stbload_cxx},$<CONFIG:Release,MinSizeRel>>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.;-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
endif()
# The PE linker writes the link time into the header unless told not to.
if(WIN32 AND NOT MSVC)
  check_linker_flag(CXX "LINKER:--no-insert-timestamp" STBLOAD_HAVE_NO_INSERT_TIMESTAMP)
  if(STBLOAD_HAVE_NO_INSERT_TIMESTAMP)
    add_link_options("LINKER:--no-insert-timestamp")
  endif()
endif()
