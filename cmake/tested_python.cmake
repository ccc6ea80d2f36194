# The CPython versions vask is built and tested on. Code that reads the
# interpreter's own structures (frame layouts, Py_BUILD_CORE headers) is
# written for exactly these, so the build refuses any other version rather
# than compile guesses about its internals. pyproject.toml (requires-python,
# classifiers) and scripts/test list the same versions.
set(VASK_TESTED_PYTHON_VERSIONS 3.10 3.11 3.12 3.13)

# Stops the configuration unless MAJOR.MINOR is a tested version.
function(vask_require_tested_python major minor)
  set(version "${major}.${minor}")
  if(NOT version IN_LIST VASK_TESTED_PYTHON_VERSIONS)
    list(JOIN VASK_TESTED_PYTHON_VERSIONS ", " tested)
    message(FATAL_ERROR
      "vask is built and tested on CPython ${tested} only; this is Python ${version}. "
      "Its native core reads interpreter internals that differ between versions, "
      "so it is not built for an untested one. Build it with one of ${tested}.")
  endif()
endfunction()

# In script mode (cmake -DVERSION=3.X -P cmake/tested_python.cmake) it checks
# VERSION alone.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  string(REPLACE "." ";" parts "${VERSION}")
  list(GET parts 0 major)
  list(GET parts 1 minor)
  vask_require_tested_python("${major}" "${minor}")
  message(STATUS "Python ${VERSION} is tested")
endif()
