# What makes the release files the same from every build of one commit.

# civil_days(ISO_DATE OUTPUT): the days from 1970-01-01 to ISO_DATE
# (2026-12-07), by Howard Hinnant's algorithm.
function(civil_days iso output)
  string(REGEX MATCH "^([0-9]+)-0*([0-9]+)-0*([0-9]+)$" matched "${iso}")
  set(y ${CMAKE_MATCH_1})
  set(m ${CMAKE_MATCH_2})
  set(d ${CMAKE_MATCH_3})
  if(m LESS_EQUAL 2)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR era "${y} / 400")
  math(EXPR yoe "${y} - ${era} * 400")
  math(EXPR mp "(${m} + 9) % 12")
  math(EXPR doy "(153 * ${mp} + 2) / 5 + ${d} - 1")
  math(EXPR doe "${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy}")
  math(EXPR days "${era} * 146097 + ${doe} - 719468")
  set(${output} ${days} PARENT_SCOPE)
endfunction()

# release_epoch(OUTPUT): the time the release files carry, in seconds since
# 1970: SOURCE_DATE_EPOCH where set (packagers set it), else the last
# commit's time, else (a build from the source tarball, without .git) the
# release date in the changelog, SND_EXTRACTOR_DATE, at midnight UTC.
function(release_epoch output)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(${output} $ENV{SOURCE_DATE_EPOCH} PARENT_SCOPE)
    return()
  endif()
  find_package(Git QUIET)
  if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND commit_time MATCHES "^[0-9]+$")
      set(${output} ${commit_time} PARENT_SCOPE)
      return()
    endif()
  endif()
  civil_days(${SND_EXTRACTOR_DATE} days)
  math(EXPR seconds "${days} * 86400")
  set(${output} ${seconds} PARENT_SCOPE)
endfunction()
