#!/bin/sh
# Writes the manual page of a program from its --help with help2man, each
# subcommand's --help (those its help lists under "Subcommands:") in a
# section of its own, compressed as Debian installs manual pages.
#   help_page.sh PROGRAM VERSION SUMMARY PAGE.gz
set -eu

program=$1
version=$2
summary=$3
page=$4
name=$(basename "$program")
include=$(mktemp)
wrapper_dir=$(mktemp -d)
trap 'rm -f "$include"; rm -rf "$wrapper_dir"' EXIT

# Help text as roff, kept as printed: backslashes escaped, no line read as
# a request.
as_roff() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

echo "[SEE ALSO]" > "$include"
echo ".BR TAVO_L0 (1)" >> "$include"
subcommands=$("$program" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { exit }')
if [ -n "$subcommands" ]; then
  echo "[SUBCOMMANDS]" >> "$include"
  for subcommand in $subcommands; do
    printf '.SS "%s %s"\n.nf\n' "$name" "$subcommand" >> "$include"
    "$program" "$subcommand" --help | as_roff >> "$include"
    printf '.fi\n' >> "$include"
  done
fi

# help2man joins the lines of a paragraph: the example command lines of the
# description (indented, before "Usage:") get a paragraph each. The wrapper
# has the program's name, which help2man puts on the page.
cat > "$wrapper_dir/$name" <<WRAPPER
#!/bin/sh
"$program" "\$@" | awk '/^Usage:/ { usage = 1 } !usage && indented && /^  / { print "" } { indented = /^  /; print }'
WRAPPER
chmod +x "$wrapper_dir/$name"

help2man --no-info --version-string="$version" --name="$summary" --include="$include" \
  --output="${page%.gz}" "$wrapper_dir/$name"
gzip -9nf "${page%.gz}"
