# run description
$set $outpath = /data/run1/
$set $sub = $outpath//sub/
  $set $indent = 7
[output_interval]
60	# interval in minutes
$outpath//result.txt	output file
$sub	subdirectory
$indent; count
value# comment
part1//part2 joined
$outpath