#!/bin/sh
# Fails when the program's import table names a directory-services client
# library (they are loaded at run time only), or when the table cannot be
# read at all.
#   check_imports.sh OBJDUMP PROGRAM
objdump=$1 program=$2
names=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p') || exit 1
echo "$names"
echo "$names" | grep -qi '^kernel32\.dll$' || { echo "no import table read from $program"; exit 1; }
if echo "$names" | grep -Eqi '^dx(net|call|conn|loc)32\.dll$'; then
    echo "$program imports a directory-services library"
    exit 1
fi
exit 0
