"""Coverage-guided fuzzing of the module: the targets, their structure-aware
mutators and the atheris driver (run through tools/fuzz.sh)."""
