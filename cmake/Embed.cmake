# velto_embed(<target> <symbol> <file> [DEPENDS <target>...])
#
# Makes a static library <target> that carries <file> byte for byte in .rodata through the
# assembler's .incbin, so a multi-megabyte file costs no generated C source and no copy at run
# time. It exposes velto::embedded::<symbol>() -> std::span<const unsigned char> from the header
# "embedded/<symbol>.h".
function(velto_embed target symbol file)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/embedded")
  set(asm "${dir}/${symbol}.S")
  set(header "${dir}/embedded/${symbol}.h")
  file(CONFIGURE OUTPUT "${asm}" CONTENT [=[
    .section .rodata.velto_@symbol@,"a",@progbits
    .balign 64
    .globl velto_embedded_@symbol@_begin
    .type velto_embedded_@symbol@_begin, @object
velto_embedded_@symbol@_begin:
    .incbin "@file@"
    .globl velto_embedded_@symbol@_end
    .type velto_embedded_@symbol@_end, @object
velto_embedded_@symbol@_end:
    .byte 0
    .section .note.GNU-stack,"",@progbits
]=] @ONLY)
  file(CONFIGURE OUTPUT "${header}" CONTENT [=[
#pragma once
#include <cstddef>
#include <span>

extern "C" const unsigned char velto_embedded_@symbol@_begin[];
extern "C" const unsigned char velto_embedded_@symbol@_end[];

namespace velto::embedded {
inline std::span<const unsigned char> @symbol@() noexcept {
  return {velto_embedded_@symbol@_begin,
          static_cast<std::size_t>(velto_embedded_@symbol@_end - velto_embedded_@symbol@_begin)};
}
}  // namespace velto::embedded
]=] @ONLY)
  # The assembler's dependency output does not name .incbin files, so say it here.
  set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${file}")
  add_library(${target} STATIC "${asm}")
  target_include_directories(${target} PUBLIC "${dir}")
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
endfunction()
