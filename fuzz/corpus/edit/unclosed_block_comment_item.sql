select a, b from t /* note */
-- Á