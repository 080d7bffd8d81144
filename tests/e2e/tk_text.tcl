# A Tk text, which keeps PRIMARY while the user selects anew and shows accessibility nothing.
# Usage: wish tk_text.tcl TITLE LINE. Prints "ready" (its window is found by TITLE); answers
# "where INDEX" with "ok X Y", the middle of that character on screen.
wm title . [lindex $argv 0]
wm geometry . 600x60+40+300
text .t -font fixed -borderwidth 0 -highlightthickness 0
.t insert end [lindex $argv 1]
pack .t -fill both -expand 1
focus .t
update
puts "ready -"
flush stdout
proc answer {} {
    if {[gets stdin line] < 0} { exit }
    lassign $line command index
    if {$command eq "where"} {
        update
        lassign [.t bbox $index] x y w h
        puts "ok [expr {[winfo rootx .t] + $x + $w / 2}] [expr {[winfo rooty .t] + $y + $h / 2}]"
        flush stdout
    }
}
fileevent stdin readable answer
