# Posts per second against body size, plug-in and bare loop, from the data
# file the report writes (columns: size, then plug-in and bare loop pinned to
# one CPU, then both placed by the scheduler). Run by scripts/bench as
#   gnuplot -e "data='throughput.dat'; out='throughput.png'; subtitle='...'" bench/throughput.gp
if (!exists("subtitle")) subtitle = ""
set terminal pngcairo size 900,560 font "sans,11"
set output out
set title "Posts per second by body size, one kept-alive connection\n{/*0.8 ".subtitle."}"
set logscale xy
set xlabel "body size"
set ylabel "posts per second"
set xtics ("64 B" 64, "1 KiB" 1024, "64 KiB" 65536, "1 MiB" 1048576)
set format y "%.0f"
set grid xtics ytics mytics
set key bottom left box opaque
set offsets graph 0.05, graph 0.05, 0, 0
set datafile missing "NaN"
plot data using 1:3 with linespoints lw 2 lc rgb "#1f5fa8" pt 7 ps 1.2 title "bare libcurl loop, one CPU", \
     data using 1:2 with linespoints lw 2 lc rgb "#e07b00" pt 5 ps 1.0 dt 2 title "plug-in, one CPU", \
     data using 1:5 with linespoints lw 1 lc rgb "#7fa7d4" pt 6 ps 1.0 title "bare libcurl loop, scheduler's placement", \
     data using 1:4 with linespoints lw 1 lc rgb "#f0b060" pt 4 ps 1.0 dt 2 title "plug-in, scheduler's placement"
