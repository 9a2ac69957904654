# SPDX-License-Identifier: GPL-3.0-or-later
# Last step of "cmake --install". An earlier installation into the same prefix left the list
# of its files in lib/varno/installed-files; those that this one did not write again (a
# dialog script named after an older version, a help page since dropped) are removed, so that
# an upgrade in place leaves nothing stale. Then the list is written for the next one.
# Staged installations (DESTDIR, as for the Debian package) keep no list: a package manager
# owns their files.
cmake_policy(VERSION 3.25)
if("$ENV{DESTDIR}" STREQUAL "")
  get_filename_component(varno_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
  set(varno_list "${varno_prefix}/lib/varno/installed-files")
  if(EXISTS "${varno_list}")
    file(STRINGS "${varno_list}" varno_earlier)
    foreach(varno_file IN LISTS varno_earlier)
      string(FIND "${varno_file}" "${varno_prefix}/" varno_at)
      if(varno_at EQUAL 0 AND NOT varno_file IN_LIST CMAKE_INSTALL_MANIFEST_FILES
         AND NOT varno_file STREQUAL varno_list AND (EXISTS "${varno_file}" OR IS_SYMLINK "${varno_file}"))
        file(REMOVE "${varno_file}")
        message(STATUS "Removed (left by an earlier installation): ${varno_file}")
        # Folders of VARNO's own that this leaves empty go too.
        get_filename_component(varno_folder "${varno_file}" DIRECTORY)
        string(FIND "${varno_folder}" "${varno_prefix}/lib/varno/" varno_at)
        while(varno_at EQUAL 0 AND IS_DIRECTORY "${varno_folder}")
          file(GLOB varno_left "${varno_folder}/*" "${varno_folder}/.*")
          if(varno_left)
            break()
          endif()
          file(REMOVE_RECURSE "${varno_folder}")
          get_filename_component(varno_folder "${varno_folder}" DIRECTORY)
          string(FIND "${varno_folder}" "${varno_prefix}/lib/varno/" varno_at)
        endwhile()
      endif()
    endforeach()
  endif()
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${varno_list}")
  list(JOIN CMAKE_INSTALL_MANIFEST_FILES "\n" varno_files)
  file(WRITE "${varno_list}" "${varno_files}\n")
endif()
