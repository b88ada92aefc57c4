$set $a = first
$set $a = second
$set $b = first
$set $n = 5
$set $m = 5
$set $info = /home/info/
$set $info2 = /home/info/
$set $empty =
[s]
$a $b $n $m
x $empty end
