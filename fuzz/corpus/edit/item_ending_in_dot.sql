select a, b from t
-- k