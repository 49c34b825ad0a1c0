# Throughput against baud rate from vodrek_bench's throughput.dat (RTS/CTS,
# the ring the open gives, first direction), with the line rate and the
# binding limit. Usage: gnuplot -e "dir='build/bench'" bench/throughput.gp
if (!exists("dir")) dir = "build/bench"
data = dir . "/throughput.dat"
set terminal pngcairo size 1000,640 font ",11"
set grid
set key bottom left
set logscale x 10
set xlabel "baud (8N1)"
set format x "%.0s%c"

set output dir . "/throughput.png"
set title "Null-modem throughput per direction, virtual time"
set logscale y 10
set ylabel "bytes per second"
set format y "%.0s%c"
plot data using 1:2 with lines dashtype 2 lw 2 title "line rate", \
     data using 1:7 with lines dashtype 3 lw 2 title "binding limit", \
     data using 1:3 with linespoints pt 7 title "chips 0/1, duplex", \
     data using 1:4 with linespoints pt 5 title "chips 2-4, duplex", \
     data using 1:5 with linespoints pt 6 title "chips 0/1, one way", \
     data using 1:6 with linespoints pt 4 title "chips 2-4, one way"

set output dir . "/throughput_ratio.png"
set title "Throughput as a share of the binding limit"
unset logscale y
set format y "%.0f %%"
set ylabel "of the binding limit"
set yrange [0:110]
plot 99.5 with lines dashtype 2 lw 2 title "goal 99.5 %", \
     data using 1:(100*$3/$7) with linespoints pt 7 title "chips 0/1, duplex", \
     data using 1:(100*$4/$7) with linespoints pt 5 title "chips 2-4, duplex", \
     data using 1:(100*$5/$8) with linespoints pt 6 title "chips 0/1, one way", \
     data using 1:(100*$6/$8) with linespoints pt 4 title "chips 2-4, one way"
