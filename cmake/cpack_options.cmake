# Read by cpack for each generator: the source tarball holds one folder,
# snd_extractor-VERSION/; the binary packages keep their flat layout.
if(CPACK_GENERATOR STREQUAL "TGZ" AND CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
