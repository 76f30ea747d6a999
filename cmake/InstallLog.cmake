# Runs as the last step of "cmake --install": writes CMINSTALL.LOG into the
# application folder, beside Unwise, listing every path this install put in
# place (one a line, as on the installed system: without DESTDIR), the log
# itself last. Unwise removes the install again from it.
#
# In: KETTRIN_INSTALL_APPDIR (relative to the prefix, or absolute),
# CMAKE_INSTALL_PREFIX and CMAKE_INSTALL_MANIFEST_FILES of the running install.
if(IS_ABSOLUTE "${KETTRIN_INSTALL_APPDIR}")
  set(_kettrin_appdir "${KETTRIN_INSTALL_APPDIR}")
else()
  set(_kettrin_appdir "${CMAKE_INSTALL_PREFIX}/${KETTRIN_INSTALL_APPDIR}")
endif()
set(_kettrin_log "${_kettrin_appdir}/CMINSTALL.LOG")
set(_kettrin_destdir "$ENV{DESTDIR}")
string(LENGTH "${_kettrin_destdir}" _kettrin_destdir_len)

set(_kettrin_paths "")
foreach(_kettrin_file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  if(_kettrin_destdir_len GREATER 0)
    string(FIND "${_kettrin_file}" "${_kettrin_destdir}" _kettrin_at)
    if(_kettrin_at EQUAL 0)
      string(SUBSTRING "${_kettrin_file}" ${_kettrin_destdir_len} -1 _kettrin_file)
    endif()
  endif()
  list(APPEND _kettrin_paths "${_kettrin_file}")
endforeach()
list(REMOVE_ITEM _kettrin_paths "${_kettrin_log}")
list(REMOVE_DUPLICATES _kettrin_paths)
list(APPEND _kettrin_paths "${_kettrin_log}")
list(JOIN _kettrin_paths "\n" _kettrin_text)

message(STATUS "Installing: ${_kettrin_destdir}${_kettrin_log}")
file(WRITE "${_kettrin_destdir}${_kettrin_log}" "${_kettrin_text}\n")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_kettrin_destdir}${_kettrin_log}")
