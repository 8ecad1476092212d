"""kovamem-analyze as a package: log parsing (logparse), ELF headers (elf),
symbolizing (symbolize), the answers (analysis), text and HTML (render),
the JSON schema (schema) and the command line (cli)."""
