# Writes SHA256SUMS beside the release files of a folder, listing each of
# them (as sha256sum -c reads it): cmake -DDIR=folder -P sha256sums.cmake,
# or as CPack's post-build script, for the folder its packages went to.
if(NOT DIR)
  list(GET CPACK_PACKAGE_FILES 0 first)
  get_filename_component(DIR "${first}" DIRECTORY)
endif()
file(GLOB files RELATIVE "${DIR}" "${DIR}/snd_extractor-*.tar.gz" "${DIR}/snd_extractor-*.zip"
     "${DIR}/snd-extractor_*.deb")
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${DIR}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${DIR}/SHA256SUMS" "${sums}")
