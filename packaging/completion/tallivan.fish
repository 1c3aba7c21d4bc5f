# Fish completion for tallivan: its options, and a file name for the book.
complete -c tallivan -l book -r -F -d 'open the book at PATH'
complete -c tallivan -l version -d 'show the version and exit'
complete -c tallivan -s h -l help -d 'show this help and exit'
