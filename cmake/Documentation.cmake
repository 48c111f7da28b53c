# Manual pages and shell completion for the Linux programs.
