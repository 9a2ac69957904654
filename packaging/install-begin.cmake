# SPDX-License-Identifier: GPL-3.0-or-later
# First step of "cmake --install": the prefix must take files. Where it cannot (a read-only
# file system, a folder of another user), say so in words before anything is copied.
set(varno_destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(varno_probe "${varno_destination}/lib/varno/.writable")
execute_process(COMMAND mkdir -p "${varno_destination}/lib/varno"
                RESULT_VARIABLE varno_failed ERROR_VARIABLE varno_reason ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT varno_failed)
  execute_process(COMMAND touch "${varno_probe}"
                  RESULT_VARIABLE varno_failed ERROR_VARIABLE varno_reason ERROR_STRIP_TRAILING_WHITESPACE)
  file(REMOVE "${varno_probe}")
endif()
if(varno_failed)
  string(REGEX REPLACE "^(mkdir|touch): " "" varno_reason "${varno_reason}")
  message(FATAL_ERROR "VARNO cannot be installed into ${varno_destination}: ${varno_reason}. "
          "Nothing was installed. Choose a prefix that you may write to "
          "(cmake --install build --prefix ~/.local), or install as root.")
endif()
