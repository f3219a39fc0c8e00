# SPDX-License-Identifier: MIT
# Style and lint targets, run only when asked for (tools/run-tests.sh and CI do):
#   format-check  clang-format finds nothing to change       format  rewrites in place
#   tidy          .clang-tidy's checks on Sources/, as errors
#   shellcheck    every shell script, with .shellcheckrc
file(GLOB_RECURSE harkwell_format_files CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/Sources/*.cc ${PROJECT_SOURCE_DIR}/Sources/*.h
  ${PROJECT_SOURCE_DIR}/tests/*.cc ${PROJECT_SOURCE_DIR}/tests/*.h
  ${PROJECT_SOURCE_DIR}/tools/*.cc ${PROJECT_SOURCE_DIR}/tools/*.h
  ${PROJECT_SOURCE_DIR}/bench/*.cc ${PROJECT_SOURCE_DIR}/bench/*.h)
file(GLOB_RECURSE harkwell_tidy_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/Sources/*.cc)
file(GLOB_RECURSE harkwell_shell_files CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/tools/*.sh ${PROJECT_SOURCE_DIR}/bench/*.sh ${PROJECT_SOURCE_DIR}/tests/*.sh)
list(APPEND harkwell_shell_files ${PROJECT_SOURCE_DIR}/.ci/run)

find_program(HARKWELL_CLANG_FORMAT NAMES clang-format clang-format-14)
if(HARKWELL_CLANG_FORMAT)
  add_custom_target(format-check
    COMMAND ${HARKWELL_CLANG_FORMAT} --dry-run -Werror ${harkwell_format_files}
    COMMENT "clang-format: checking the sources"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
  add_custom_target(format
    COMMAND ${HARKWELL_CLANG_FORMAT} -i ${harkwell_format_files}
    COMMENT "clang-format: formatting the sources"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
endif()

find_program(HARKWELL_RUN_CLANG_TIDY NAMES run-clang-tidy run-clang-tidy-14)
if(HARKWELL_RUN_CLANG_TIDY)
  # The compile commands are GCC's; clang-tidy does not know some of its warning flags.
  add_custom_target(tidy
    COMMAND ${HARKWELL_RUN_CLANG_TIDY} -quiet -p ${PROJECT_BINARY_DIR}
            -extra-arg=-Wno-unknown-warning-option ${harkwell_tidy_files}
    COMMENT "clang-tidy: checking Sources/"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
endif()

find_program(HARKWELL_SHELLCHECK shellcheck)
if(HARKWELL_SHELLCHECK)
  add_custom_target(shellcheck
    COMMAND ${HARKWELL_SHELLCHECK} ${harkwell_shell_files}
    COMMENT "shellcheck: checking the scripts"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
endif()
