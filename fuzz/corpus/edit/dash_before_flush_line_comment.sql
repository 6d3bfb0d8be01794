select a--c
, b
-- ,