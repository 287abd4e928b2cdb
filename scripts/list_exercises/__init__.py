"""The build machine's commands of the list exercises: what test.sh, run.sh
and the scripts in scripts/ do, as modules whose names say their job."""
