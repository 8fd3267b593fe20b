# Extension libraries: every extension's CMake file calls qo_extension(<target>)
# after add_library (QoSystem32, QoMath32 and QoWin32 are registered at the end
# of the configuration if their file does not). That puts the library into the runtime folder beside qo
# and the module manager, makes qo depend on it (qo expects every registered
# extension and warns when one is missing), and installs it with the rest.
set(QO_RUNTIME_DIR ${CMAKE_BINARY_DIR}/bin)
set_property(GLOBAL PROPERTY QO_EXTENSIONS "")

function(qo_extension target)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${QO_RUNTIME_DIR})
  set_property(GLOBAL APPEND PROPERTY QO_EXTENSIONS ${target})
endfunction()

# A library that an extension loads itself from its own folder but that is not
# an extension (qo must not load it): qo_extension_library(<target>) builds it
# into the same runtime folder and installs it beside the extensions.
set_property(GLOBAL PROPERTY QO_EXTENSION_LIBRARIES "")

function(qo_extension_library target)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${QO_RUNTIME_DIR})
  set_property(GLOBAL APPEND PROPERTY QO_EXTENSION_LIBRARIES ${target})
endfunction()
