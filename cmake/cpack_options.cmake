# Read by cpack for each generator: the source tarball holds one folder,
# snd_extractor-VERSION/; the binary packages keep their flat layout.
if(CPACK_GENERATOR STREQUAL "TGZ" AND CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

# Every file in every package carries the release time (cpack reads it from
# SOURCE_DATE_EPOCH), unless the packager set one; a zip's times are local
# times, taken here in UTC whatever the builder's time zone.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SND_EXTRACTOR_EPOCH})
endif()
set(ENV{TZ} UTC)
