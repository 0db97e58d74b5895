#!/bin/bash
# Checks the dynamic symbol table of the shared library: every function of
# the public interface is exported under its exact mangled name, and
# nothing else of the project is (no process-wide state, no internal
# helper). Template instantiations of the standard library are tolerated.
#
# Given the qellog tool as well, it checks that the tool holds one copy of
# the library's code: linked with the shared library, it defines none of
# its symbols itself; linked without it, it holds the set-up itself.
#
# Usage: check_exports.sh <libqellog.so> [<qellog tool>]
set -euo pipefail
lib=$1
tool=${2:-}

# mangled name|demangled name
expected=$(cat <<'LIST'
_Z15set_logversionsPcS_S_S_|set_logversions(char*, char*, char*, char*)
_Z12init_loggingPc|init_logging(char*)
_Z12exit_loggingv|exit_logging()
_Z14init_logthreadi|init_logthread(int)
_Z14exit_logthreadv|exit_logthread()
_Z16exit_logthread_ti|exit_logthread_t(int)
_Z12get_logparamPc|get_logparam(char*)
_Z21get_logparam_not_usedPc|get_logparam_not_used(char*)
_Z23set_logparam_flushlinesj|set_logparam_flushlines(unsigned int)
_Z20set_logparam_filelenj|set_logparam_filelen(unsigned int)
_Z20set_logparam_logbitsj|set_logparam_logbits(unsigned int)
_Z19set_logparam_threadj|set_logparam_thread(unsigned int)
_Z24set_logparam_logfilepathPc|set_logparam_logfilepath(char*)
_Z20get_logparam_logbitsv|get_logparam_logbits()
_Z23get_logparam_filehandlev|get_logparam_filehandle()
_Z24get_logparam_logfilepathPcm|get_logparam_logfilepath(char*, unsigned long)
_Z24get_logparam_logfilenamePcm|get_logparam_logfilename(char*, unsigned long)
_Z8writelogjPvPKcz|writelog(unsigned int, void*, char const*, ...)
_Z13log_func_initv|log_func_init()
_Z13log_func_finiv|log_func_fini()
_ZN8CQel_LogC1EPKcij|CQel_Log::CQel_Log(char const*, int, unsigned int)
_ZN8CQel_LogC2EPKcij|CQel_Log::CQel_Log(char const*, int, unsigned int)
_ZN8CQel_LogD1Ev|CQel_Log::~CQel_Log()
_ZN8CQel_LogD2Ev|CQel_Log::~CQel_Log()
_ZN8CQel_Log12set_lib_versEPKcS1_S1_|CQel_Log::set_lib_vers(char const*, char const*, char const*)
_ZN8CQel_Log12set_lib_descEPKc|CQel_Log::set_lib_desc(char const*)
_ZN8CQel_Log13write_to_fileEPKcm|CQel_Log::write_to_file(char const*, unsigned long)
_ZN8CQel_Log8writelogEjPKcz|CQel_Log::writelog(unsigned int, char const*, ...)
_ZN8CQel_Log8writelogEjPKcP13__va_list_tag|CQel_Log::writelog(unsigned int, char const*, __va_list_tag*)
_ZN8CQel_Log8writelogEjiPKcz|CQel_Log::writelog(unsigned int, int, char const*, ...)
_ZN8CQel_Log8writelogEjiPKcP13__va_list_tag|CQel_Log::writelog(unsigned int, int, char const*, __va_list_tag*)
_ZN8CQel_Log9writetimeEv|CQel_Log::writetime()
_ZN8CQel_Log11set_logbitsEj|CQel_Log::set_logbits(unsigned int)
_ZN8CQel_Log11get_logbitsEv|CQel_Log::get_logbits()
_ZN8CQel_Log14set_flushcountEj|CQel_Log::set_flushcount(unsigned int)
_ZN8CQel_Log14get_flushcountEv|CQel_Log::get_flushcount()
_ZN8CQel_Log12get_msgcountEv|CQel_Log::get_msgcount()
_ZN8CQel_Log14get_filehandleEv|CQel_Log::get_filehandle()
_ZN8CQel_Log15set_maxfilesizeEm|CQel_Log::set_maxfilesize(unsigned long)
_ZN8CQel_Log15get_maxfilesizeEv|CQel_Log::get_maxfilesize()
_ZN8CQel_Log15get_curfilesizeEv|CQel_Log::get_curfilesize()
_ZN8CQel_Log15start_time_messEv|CQel_Log::start_time_mess()
_ZN8CQel_Log14stop_time_messEv|CQel_Log::stop_time_mess()
_ZN8CQel_Log8flushlogEv|CQel_Log::flushlog()
_ZN8CQel_Log17stop_flush_threadEv|CQel_Log::stop_flush_thread()
_ZN8CQel_Log18start_flush_threadEv|CQel_Log::start_flush_thread()
_ZN8CQel_Log16msg_flush_threadEv|CQel_Log::msg_flush_thread()
_ZN8CQel_Log16create_next_fileEv|CQel_Log::create_next_file()
_ZN8CQel_Log10get_reopenEv|CQel_Log::get_reopen()
_ZN8CQel_Log10set_reopenEb|CQel_Log::set_reopen(bool)
_ZN8CQel_Log12get_tailsafeEv|CQel_Log::get_tailsafe()
_ZN8CQel_Log12set_tailsafeEb|CQel_Log::set_tailsafe(bool)
_ZN8CQel_Log15get_generationsEv|CQel_Log::get_generations()
_ZN8CQel_Log15set_generationsEb|CQel_Log::set_generations(bool)
_ZN8CQel_Log11get_shiplagEv|CQel_Log::get_shiplag()
_ZN8CQel_Log11set_shiplagEm|CQel_Log::set_shiplag(unsigned long)
_ZN8CQel_Log13get_lostcountEv|CQel_Log::get_lostcount()
_ZN8CQel_Log13get_lostlinesEv|CQel_Log::get_lostlines()
_ZN8CQel_Log13set_lostlinesEb|CQel_Log::set_lostlines(bool)
_ZN8CQel_Log14get_maxfileageEv|CQel_Log::get_maxfileage()
_ZN8CQel_Log14get_rotatetimeEv|CQel_Log::get_rotatetime()
_ZN8CQel_Log14request_reopenEv|CQel_Log::request_reopen()
_ZN8CQel_Log14set_maxfileageEm|CQel_Log::set_maxfileage(unsigned long)
_ZN8CQel_Log14set_rotatetimeEj|CQel_Log::set_rotatetime(unsigned int)
_ZN8CQel_Log16get_maxfilecountEv|CQel_Log::get_maxfilecount()
_ZN8CQel_Log16get_maxtotalsizeEv|CQel_Log::get_maxtotalsize()
_ZN8CQel_Log16set_maxfilecountEm|CQel_Log::set_maxfilecount(unsigned long)
_ZN8CQel_Log16set_maxtotalsizeEm|CQel_Log::set_maxtotalsize(unsigned long)
_ZN8CQel_Log18get_reopenintervalEv|CQel_Log::get_reopeninterval()
_ZN8CQel_Log18set_reopenintervalEj|CQel_Log::set_reopeninterval(unsigned int)
_Z22get_logparam_lostlinesv|get_logparam_lostlines()
_ZN8CQel_Log11set_isotimeEb|CQel_Log::set_isotime(bool)
_ZN8CQel_Log11get_isotimeEv|CQel_Log::get_isotime()
_ZN8CQel_Log14set_strictsizeEb|CQel_Log::set_strictsize(bool)
_ZN8CQel_Log14get_strictsizeEv|CQel_Log::get_strictsize()
_ZN8CQel_LogC1EPKcijj|CQel_Log::CQel_Log(char const*, int, unsigned int, unsigned int)
_ZN8CQel_LogC2EPKcijj|CQel_Log::CQel_Log(char const*, int, unsigned int, unsigned int)
_ZN8CQel_Log13set_classnameEjPKc|CQel_Log::set_classname(unsigned int, char const*)
_ZN8CQel_Log13get_classnameEj|CQel_Log::get_classname(unsigned int)
_ZN8CQel_Log17set_maxlinelengthEm|CQel_Log::set_maxlinelength(unsigned long)
_ZN8CQel_Log17get_maxlinelengthEv|CQel_Log::get_maxlinelength()
_ZN8CQel_Log11set_lineendEj|CQel_Log::set_lineend(unsigned int)
_ZN8CQel_Log11get_lineendEv|CQel_Log::get_lineend()
_ZN8CQel_Log11passes_maskEj|CQel_Log::passes_mask(unsigned int)
_ZN8CQel_Log9writetextEjPKcm|CQel_Log::writetext(unsigned int, char const*, unsigned long)
_Z22set_logparam_classnamejPKc|set_logparam_classname(unsigned int, char const*)
_Z26set_logparam_maxlinelengthj|set_logparam_maxlinelength(unsigned int)
_Z20set_logparam_lineendj|set_logparam_lineend(unsigned int)
_Z19get_logparam_passesj|get_logparam_passes(unsigned int)
_Z13writelog_textjPKcm|writelog_text(unsigned int, char const*, unsigned long)
_Z15set_logversionsPKcS0_S0_S0_|set_logversions(char const*, char const*, char const*, char const*)
_Z12init_loggingPKc|init_logging(char const*)
_Z24set_logparam_logfilepathPKc|set_logparam_logfilepath(char const*)
_Z12get_logparamPKc|get_logparam(char const*)
_Z21get_logparam_not_usedPKc|get_logparam_not_used(char const*)
_ZN8CQel_iniC1EPKc|CQel_ini::CQel_ini(char const*)
_ZN8CQel_iniC2EPKc|CQel_ini::CQel_ini(char const*)
_ZN8CQel_ini16get_ini_filenameEPci|CQel_ini::get_ini_filename(char*, int)
_ZN8CQel_ini16get_reg_filenameEPci|CQel_ini::get_reg_filename(char*, int)
_ZN8CQel_ini19get_default_lognameEPci|CQel_ini::get_default_logname(char*, int)
_ZN8CQel_ini8writelogEjPKcz|CQel_ini::writelog(unsigned int, char const*, ...)
_ZN8CQel_ini11set_ini_logEP8CQel_Log|CQel_ini::set_ini_log(CQel_Log*)
_ZN8CQel_ini19create_log_from_iniEv|CQel_ini::create_log_from_ini()
_ZN8CQel_ini19reload_log_from_iniEP8CQel_Log|CQel_ini::reload_log_from_ini(CQel_Log*)
_Z14reload_loggingv|reload_logging()
_ZN8CQel_ini18get_param_from_iniEPKcS1_Rj|CQel_ini::get_param_from_ini(char const*, char const*, unsigned int&)
_ZN8CQel_ini25get_general_bits_from_iniERj|CQel_ini::get_general_bits_from_ini(unsigned int&)
LIST
)

# Defined, exported symbols: "value type name" (undefined ones have no value).
exported=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sort -u)
fail=0

while IFS='|' read -r mangled demangled; do
  if ! grep -qxF -- "$mangled" <<<"$exported"; then
    echo "not exported: $demangled ($mangled)"
    fail=1
  fi
  actual=$(c++filt -- "$mangled")
  if [ "$actual" != "$demangled" ]; then
    echo "wrong type in the list: $mangled demangles as '$actual', not '$demangled'"
    fail=1
  fi
done <<<"$expected"

# Everything else that is exported must belong to the standard library
# (std:: and __gnu_cxx:: entities, their vtables, typeinfo and guards) or
# be one of the symbols the linker itself defines.
std_entity='^_Z(T[VIST]|GV|TT|TC|Th|Tv)?(N[rVK]*)?(St|S[absiod]|9__gnu_cxx)'
linker_symbols='^(_init|_fini|_edata|_end|__bss_start)$'
while read -r sym; do
  [ -n "$sym" ] || continue
  grep -qxF -- "$sym" <<<"$(cut -d'|' -f1 <<<"$expected")" && continue
  [[ $sym =~ $std_entity || $sym =~ $linker_symbols ]] && continue
  echo "exported but not part of the interface: $sym ($(c++filt -- "$sym"))"
  fail=1
done <<<"$exported"

# The process-wide state by name, in case a change to the rules above ever
# lets it through.
if grep -E 'g_log|g_lib_|g_ini_filename' <<<"$exported"; then
  echo "process-wide state is exported"
  fail=1
fi
if c++filt <<<"$exported" | grep -E '(^|[^A-Za-z_])qellog::'; then
  echo "symbols of the qellog:: namespace are exported"
  fail=1
fi

if [ -n "$tool" ]; then
  in_tool=$(nm --defined-only "$tool" | awk 'NF >= 3 { print $3 }' | sort -u)
  # (grep without -q in pipes: an early exit would fail the writer under
  # pipefail.)
  if readelf -d "$tool" | grep 'NEEDED.*libqellog' > /dev/null; then
    twice=$(comm -12 <(echo "$exported") <(echo "$in_tool") |
      grep -Ev "$std_entity|$linker_symbols" || true)
    [ -z "$twice" ] || { echo "a second copy in the tool:"; c++filt <<<"$twice"; fail=1; }
  elif ! grep -qxF _ZN8CQel_ini19create_log_from_iniEv <<<"$in_tool"; then
    echo "the tool neither links the shared library nor holds the set-up"
    fail=1
  fi
fi

[ $fail -eq 0 ] && echo "check_exports: $(wc -l <<<"$exported") exported symbols, all expected"
exit $fail
