select a, b from t
-- Â