# Sourced by the benchmark scripts after their options: makes BUILD absolute
# and sets SIM and TOOL to the simulator and qdrtool built there, or stops
# with a hint when they are not built.
case "$BUILD" in /*) ;; *) BUILD=$(pwd)/$BUILD ;; esac
SIM=$BUILD/sim/qdrsim
TOOL=$BUILD/tools/qdrtool
for exe in "$SIM" "$TOOL"; do
  [ -x "$exe" ] || { echo "missing $exe (build the benchmarks first: scripts/bench)" >&2; exit 2; }
done
