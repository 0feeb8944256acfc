# cmake --install into a scratch prefix: every program, the colour maps, the
# pages, the man page and the Python module (where it is built) in place, and
# the installed program and module colouring with their own prefix's maps.
# A sanitizer build's module loads only with the sanitizers' runtimes
# preloaded (python_module runs it so): the layout is checked without it.
if(TARGET polyfield_python AND NOT POLYFIELD_SANITIZE)
  set(module_python ${Python_EXECUTABLE})
else()
  set(module_python)
endif()
add_test(NAME install_layout
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install.py ${CMAKE_BINARY_DIR}
          ${module_python})
