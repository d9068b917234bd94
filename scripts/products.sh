#!/usr/bin/env bash
# The product table of src/products.txt for scripts. Sourced, it defines:
#   product_names            every product's name (its key in lower case), one a line
#   product_files KEY [32]   KEY's files in download order, one "SOURCE TARGET" line each, in the
#                            edition for 64-bit Windows, or for 32-bit Windows with a second word
#   product_sources KEY      every source name KEY may ask the server for, both editions included

_products_table="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/src/products.txt"

product_names() {
  awk '/^[^#]/ { print tolower($1) }' "$_products_table"
}

product_files() {
  awk -v key="$1" -v edition="${2:+2}" '$1 == key {
    for (i = 2; i <= NF; i++) {
      split($i, file, ":")
      n = split(file[1], source, "|")
      print (edition == 2 && n == 2 ? source[2] : source[1]) " " file[2]
    }
  }' "$_products_table"
}

product_sources() {
  { product_files "$1"; product_files "$1" 32; } | awk '!seen[$1]++ { print $1 }'
}
