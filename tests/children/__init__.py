"""Programs the tests run in child processes, with run_py(CHILDREN / "<name>.py")
or spawn() of tests/_helpers.py: each a script named for what it does, which
may import the helpers in tests/ (they put tests/ on its PYTHONPATH)."""
