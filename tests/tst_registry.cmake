target_compile_definitions(${target} PRIVATE TARVOS_SEED_SCRIPT="${PROJECT_SOURCE_DIR}/tools/seed-registry.sh")
