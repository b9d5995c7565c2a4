# One case of bench/DriftBench.cpp: the delay from arrival to playing against its target, and the
# ratio against the clocks' ratio, a point a second. scripts/bench runs it:
#   gnuplot -e "DAT='case.dat'; OUT='case.png'; NAME='the case'" bench/DriftPlot.gp
set terminal pngcairo size 1000,640 font ",10"
set output OUT
set multiplot layout 2,1 title NAME
set grid
set key top right
set ylabel "ms"
plot DAT using 1:($2-$3) with lines lw 1 title "delay from arrival to playing, less the target", \
     DAT using 1:(0) with lines dt 2 lc rgb "gray40" notitle
set xlabel "seconds"
set ylabel "ppm"
plot DAT using 1:4 with lines lw 1 title "ratio - 1", \
     DAT using 1:5 with lines dt 2 title "the clocks' ratio - 1"
unset multiplot
