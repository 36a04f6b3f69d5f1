# Hardening for every build type, as Debian builds its packages and a bit
# more: stack canaries, checked libc calls, stack clash probes, control-flow
# protection where the processor has it, position-independent programs and
# libraries whose relocations are all resolved at start and then made read-only.
include(CheckCXXCompilerFlag)

# Position-independent code everywhere: -fPIE and -pie for the programs,
# -fPIC for the libraries (the shared one needs it; the static one is then
# usable inside other shared libraries too).
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
add_compile_options(-fstack-protector-strong)
add_link_options(LINKER:-z,relro LINKER:-z,now)

# Both exist only for some targets: -fcf-protection (CET) for x86 alone, stack
# clash probes for most but not all. A cross compiler for another processor
# rejects them (or clang ignores one with a warning), so each is used where the
# compiler takes it without complaint.
set(saved_required_flags "${CMAKE_REQUIRED_FLAGS}")
string(APPEND CMAKE_REQUIRED_FLAGS " -Werror")
check_cxx_compiler_flag(-fstack-clash-protection QUILLWAVE_HAS_STACK_CLASH_PROTECTION)
if(QUILLWAVE_HAS_STACK_CLASH_PROTECTION)
  add_compile_options(-fstack-clash-protection)
endif()
check_cxx_compiler_flag(-fcf-protection QUILLWAVE_HAS_CF_PROTECTION)
if(QUILLWAVE_HAS_CF_PROTECTION)
  add_compile_options(-fcf-protection)
endif()
set(CMAKE_REQUIRED_FLAGS "${saved_required_flags}")

# Checked libc calls (__memcpy_chk and the like) need the optimiser to know
# object sizes, and glibc warns without it, so Debug builds go without. So do
# sanitizer builds (asan, fuzz): the sanitizers check every access themselves,
# and the checked variants would hide some calls from their interceptors. The
# -U first: some compilers define a level of their own by default.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
