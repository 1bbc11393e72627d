@test "placeholder" { true; }
