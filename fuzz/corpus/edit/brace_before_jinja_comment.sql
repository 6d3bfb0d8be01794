select b, a{# j #}
-- ‡