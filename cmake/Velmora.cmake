# Shared build settings and the layer helper.

set(VELMORA_WARNINGS -Wall -Wextra)

# Fuzzing needs coverage from the libraries too, not only from the targets.
if(VELMORA_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(VELMORA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# velmora_layer(name [lower layers...]): builds src/<name>/*.cpp into the static
# library velmora_<name>, with src/<name> on its public include path.
function(velmora_layer name)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(velmora_${name} STATIC ${sources})
  target_include_directories(velmora_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src/${name})
  target_compile_options(velmora_${name} PRIVATE ${VELMORA_WARNINGS})
  foreach(lower IN LISTS ARGN)
    target_link_libraries(velmora_${name} PUBLIC velmora_${lower})
  endforeach()
endfunction()
