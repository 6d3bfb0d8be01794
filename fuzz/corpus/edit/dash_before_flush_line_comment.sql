select a--c
, b
-- ˆ