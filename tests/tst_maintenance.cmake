# The command's own program runs too.
add_dependencies(${target} tarvos-maintenance)
