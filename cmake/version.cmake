# The source revision for --version, and the date of the source for the
# package's changelog and release entry. Both are read when CMake configures:
# a tree without git (a tarball, an unpacked source package) gets no revision
# and the configure time (or SOURCE_DATE_EPOCH) as its date.
find_package(Git QUIET)
set(VESPER_GIT_REVISION "")
set(source_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE revision
    RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed)
    set(VESPER_GIT_REVISION "${revision}")
    if(source_epoch STREQUAL "")
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE source_epoch
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    # A new commit or another branch configures again, so that the revision
    # shown is the one built. (Edits after configuring show as the -dirty of
    # that time.)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path HEAD --symbolic-full-name HEAD
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE git_paths
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REPLACE "\n" ";" git_paths "${git_paths}")
    list(LENGTH git_paths n)
    if(n EQUAL 2)
      list(GET git_paths 0 head_file)
      list(GET git_paths 1 head_ref)
      set(watched "${head_file}")
      if(head_ref MATCHES "^refs/")
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${head_ref}
          WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE ref_file
          OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        list(APPEND watched "${ref_file}")
      endif()
      foreach(file IN LISTS watched)
        get_filename_component(file "${file}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        if(EXISTS "${file}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
        endif()
      endforeach()
    endif()
  endif()
endif()

if(NOT source_epoch STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${source_epoch}")
endif()
string(TIMESTAMP VESPER_SOURCE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP VESPER_SOURCE_YEAR "%Y" UTC)
string(TIMESTAMP VESPER_SOURCE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)

# Only version.cpp sees the revision, so a new one recompiles one file.
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/vesper_version.h @ONLY)
target_include_directories(vesper_app PRIVATE ${CMAKE_BINARY_DIR}/generated)
