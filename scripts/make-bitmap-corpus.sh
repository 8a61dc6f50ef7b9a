#!/bin/sh
# Writes COUNT small bitmaps (8x8, 24 bits, each of its own colours) into
# DIR as p00000.bmp, p00001.bmp, ...; with "mixed", every 50th is cut short
# and every 97th is text, so that a run has failures and warnings too.
# Usage: make-bitmap-corpus.sh DIR COUNT [mixed]
set -eu
mkdir -p "$1"
perl -e '
  my ($dir, $count, $mixed) = @ARGV;
  for my $i (0 .. $count - 1) {
    my $pixels = join("", map { pack("CCC", ($i * 7 + $_) & 255, ($i * 13) & 255, $_ * 4) } 0 .. 63);
    my $file = "BM" . pack("VvvV", 54 + length($pixels), 0, 0, 54)
             . pack("VVVvvVVVVVV", 40, 8, 8, 1, 24, 0, length($pixels), 2835, 2835, 0, 0) . $pixels;
    if ($mixed) {
      $file = substr($file, 0, 70) if $i % 50 == 49;
      $file = "not a picture\n" if $i % 97 == 96;
    }
    open(my $out, ">", sprintf("%s/p%05d.bmp", $dir, $i)) or die "$dir: $!";
    binmode $out;
    print $out $file;
    close $out;
  }' "$1" "$2" "${3:-}"
