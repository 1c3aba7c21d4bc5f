# Fish completion for tallivan-calc: its options, and file names for BOOK, -o OUT and
# --restore VERSION.
complete -c tallivan-calc -l utf8 -d 'read and write UTF-8 text'
complete -c tallivan-calc -l check -d 'exit 3 when the book is out of date'
complete -c tallivan-calc -l csv -d 'write the book as CSV'
complete -c tallivan-calc -l spreadsheet -d 'CSV for spreadsheets'
complete -c tallivan-calc -s i -d 'write the result back into BOOK'
complete -c tallivan-calc -s o -r -F -d 'write the result to OUT'
complete -c tallivan-calc -l find -x -d 'list the entries whose line holds TEXT'
complete -c tallivan-calc -l history -d 'list the versions kept in the history'
complete -c tallivan-calc -l restore -r -F -d 'put VERSION back as BOOK'
complete -c tallivan-calc -l version -d 'show the version and exit'
complete -c tallivan-calc -s h -l help -d 'show this help and exit'
