# Runs one fuzz target for SECONDS on SEEDS, in a private root whose
# /quarn_etc holds a copy of EXAMPLE. New inputs and any crash land in a
# folder beside the target, never among the seeds.
get_filename_component(dir ${FUZZER} DIRECTORY)
get_filename_component(name ${FUZZER} NAME)
set(work ${dir}/${name}.work)
file(MAKE_DIRECTORY ${work}/corpus ${work}/etc)
configure_file(${EXAMPLE} ${work}/etc/debug.cfg COPYONLY)
execute_process(
  COMMAND ${SANDBOX} ${work}/etc ${dir} --ro-bind ${SEEDS} /seeds --bind ${work} /work
          /opt/bin/${name} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=/work/ /work/corpus /seeds
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${name} failed (${rc}); the input is in ${work}")
endif()
