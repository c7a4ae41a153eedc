# Posts per second against body size, plug-in and bare loop, from the data
# file the report writes. Run by scripts/bench as
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
set key top right box opaque
set offsets graph 0.05, graph 0.05, 0, 0
plot data using 1:3 with linespoints lw 2 pt 7 ps 1.2 title "bare libcurl loop", \
     data using 1:2 with linespoints lw 2 pt 5 ps 1.0 dt 2 title "plug-in"
