"""What the tests share: stand-in controllers (`controllers`), stand-in
actions and modules (`actions`), and the steps and blocks of the executor's
tests (`runs`). conftest.py holds only the fixtures and hooks."""
